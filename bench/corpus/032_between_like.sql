SELECT u.id, u.name FROM app.users u WHERE u.created_at BETWEEN '2024-01-01' AND '2024-12-31' AND u.name LIKE 'A%'
