SELECT o.order_id, p.amount FROM sales.orders o JOIN billing.payments p ON p.order_id = o.order_id AND p.status = 'ok'
