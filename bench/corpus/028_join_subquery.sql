SELECT c.id, t.total
FROM crm.customers c
JOIN (SELECT customer_id, amount AS total FROM billing.invoices) t ON t.customer_id = c.id
