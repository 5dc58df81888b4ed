SELECT u.* FROM (SELECT id, email AS mail, created_at FROM app.users) u
