select customer_id, full_name from {{ ref('customer_flags') }}
