SELECT c.id AS customer_id, a.city FROM crm.customers c LEFT JOIN crm.addresses a ON a.customer_id = c.id
