select
    id as order_id,
    user_id as customer_id,
    order_date,
    status,
    {{ cents_to_dollars('amount_cents') }} as amount
from {{ source('shop', 'raw_orders') }}
