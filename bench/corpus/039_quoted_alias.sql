SELECT o.total AS "order total", o.id FROM sales.orders o
