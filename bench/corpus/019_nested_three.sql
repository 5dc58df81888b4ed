SELECT x.customer AS buyer
FROM (
  SELECT y.cust AS customer
  FROM (
    SELECT z.customer_name AS cust
    FROM (SELECT name AS customer_name FROM crm.customers) z
  ) y
) x
