-- who bought what
SELECT o.order_id,      -- the order
       o.customer_id    /* buyer */
FROM sales.orders o     -- all orders
