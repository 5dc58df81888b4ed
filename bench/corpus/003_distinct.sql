SELECT DISTINCT country FROM crm.customers
