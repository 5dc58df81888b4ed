SELECT o.order_id, status, total FROM sales.orders o
