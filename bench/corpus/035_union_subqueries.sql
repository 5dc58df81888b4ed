SELECT s.a FROM (SELECT amount AS a FROM billing.payments) s
UNION ALL
SELECT r.a FROM (SELECT refund AS a FROM billing.refunds) r
