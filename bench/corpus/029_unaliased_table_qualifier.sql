SELECT orders.order_id, orders.placed_at FROM sales.orders
