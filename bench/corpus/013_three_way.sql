SELECT o.order_id, c.name AS customer, p.title AS product
FROM sales.orders o
JOIN crm.customers c ON c.id = o.customer_id
JOIN catalog.products p ON p.id = o.product_id
