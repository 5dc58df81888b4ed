SELECT s.* FROM (SELECT id, amount FROM billing.payments) s
UNION ALL
SELECT r.* FROM (SELECT id, refund AS amount FROM billing.refunds) r
