SELECT id, email FROM app.users UNION SELECT id, email FROM app.archived_users
