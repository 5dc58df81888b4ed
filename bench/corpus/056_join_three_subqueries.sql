SELECT a.user_id, b.orders, c.tickets
FROM (SELECT id AS user_id FROM app.users) a
LEFT JOIN (SELECT user_id, order_count AS orders FROM sales.user_stats) b ON b.user_id = a.user_id
LEFT JOIN (SELECT user_id, ticket_count AS tickets FROM support.user_stats) c ON c.user_id = a.user_id
