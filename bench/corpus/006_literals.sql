SELECT 1 AS one, 'x' AS tag, TRUE AS flag, order_id FROM sales.orders
