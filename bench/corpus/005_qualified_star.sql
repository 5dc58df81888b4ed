SELECT o.* FROM sales.orders o
