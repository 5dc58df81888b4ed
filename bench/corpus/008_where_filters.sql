SELECT o.order_id, o.total FROM sales.orders o WHERE o.status = 'paid' AND o.total > 100
