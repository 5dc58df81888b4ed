select
    c.customer_id,
    c.first_name || ' ' || c.last_name as full_name,
    coalesce(t.total_amount, 0) as lifetime_value,
    t.order_count
from {{ ref('stg_customers') }} as c
left join {{ ref('order_totals') }} as t
    on c.customer_id = t.customer_id
