SELECT id FROM app.users
