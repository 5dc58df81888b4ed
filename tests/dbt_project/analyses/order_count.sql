select count(*) as orders from {{ ref('stg_orders') }}
