SELECT u.id, x.*
FROM app.users u
JOIN (SELECT user_id, plan, renewed_at AS renewal FROM billing.subscriptions) x ON x.user_id = u.id
