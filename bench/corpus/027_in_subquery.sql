SELECT c.id, c.email FROM crm.customers c WHERE c.id IN (SELECT customer_id FROM sales.orders)
