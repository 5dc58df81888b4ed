SELECT count(order_id) AS orders, customer_id FROM sales.orders GROUP BY customer_id
