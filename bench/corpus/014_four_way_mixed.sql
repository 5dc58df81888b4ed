SELECT o.order_id, c.name, s.carrier, r.reason
FROM sales.orders o
INNER JOIN crm.customers c ON c.id = o.customer_id
LEFT JOIN logistics.shipments s ON s.order_id = o.order_id
LEFT OUTER JOIN support.returns r ON r.order_id = o.order_id
