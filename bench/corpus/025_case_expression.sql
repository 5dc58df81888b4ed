SELECT CASE WHEN t.amount > 0 THEN 'credit' ELSE 'debit' END AS direction, t.amount FROM bank.transactions t
