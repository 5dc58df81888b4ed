SELECT s.total_spend FROM (SELECT amount AS total_spend FROM billing.payments) s
