{% snapshot orders_snapshot %}
{{ config(target_schema='snapshots', unique_key='id', strategy='check', check_cols=['status']) }}
select id, user_id, status from {{ source('shop', 'raw_orders') }}
{% endsnapshot %}
