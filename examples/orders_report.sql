-- Daily order report: orders with their customer and product.
SELECT /*+ INDEX(o idx_orders_day) */
       o.order_id,
       o.ordered_at AS order_time,
       c.full_name  AS customer,
       c.segment,
       p.title      AS product,
       o.quantity
FROM sales.orders o
JOIN crm.customers c ON c.customer_id = o.customer_id
LEFT JOIN catalog.products p ON p.product_id = o.product_id
WHERE o.status = 'shipped'
