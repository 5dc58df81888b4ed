SELECT * FROM staging.raw_orders
