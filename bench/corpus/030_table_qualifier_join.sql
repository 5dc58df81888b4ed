SELECT orders.order_id, items.sku FROM sales.orders JOIN sales.items ON items.order_id = orders.order_id
