SELECT c.id FROM crm.customers c WHERE EXISTS (SELECT 1 FROM sales.orders o WHERE o.customer_id = c.id)
