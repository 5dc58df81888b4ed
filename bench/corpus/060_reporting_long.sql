-- Monthly revenue report by channel, region and product line.
SELECT /*+ LEADING(o c) USE_HASH(p) */
       o.order_id,
       o.ordered_at            AS order_date,
       o.channel               AS sales_channel,
       o.currency,
       o.subtotal,
       o.tax,
       o.shipping_fee,
       o.discount,
       o.total                 AS order_total,
       c.id                    AS customer_id,
       c.segment               AS customer_segment,
       c.country               AS customer_country,
       c.signup_date,
       r.region_name           AS region,
       r.manager               AS region_manager,
       p.line_name             AS product_line,
       p.category,
       s.carrier,
       s.shipped_at,
       s.delivered_at,
       pay.method              AS payment_method,
       pay.captured_at,
       pr.code                 AS promo_code,
       pr.kind                 AS promo_kind
FROM sales.orders o
JOIN crm.customers c              ON c.id = o.customer_id
LEFT JOIN geo.regions r           ON r.country = c.country
LEFT JOIN (
    SELECT pl.id AS line_id, pl.name AS line_name, pl.category
    FROM catalog.product_lines pl
) p                               ON p.line_id = o.product_line_id
LEFT JOIN logistics.shipments s   ON s.order_id = o.order_id
LEFT JOIN (
    SELECT pm.order_id, pm.method, pm.captured_at
    FROM billing.payments pm
    WHERE pm.status = 'captured'
) pay                             ON pay.order_id = o.order_id
LEFT JOIN marketing.promotions pr ON pr.id = o.promotion_id
WHERE o.status IN ('paid', 'shipped', 'delivered')
  AND o.ordered_at >= '2024-01-01'
  AND o.total > 0
ORDER BY o.ordered_at
