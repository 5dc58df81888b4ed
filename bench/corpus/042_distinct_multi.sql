SELECT DISTINCT o.customer_id, o.channel AS source FROM sales.orders o
