SELECT o.order_id, c.email FROM sales.orders o JOIN crm.customers c ON c.id = o.customer_id
