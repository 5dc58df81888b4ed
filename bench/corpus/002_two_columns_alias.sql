SELECT id, email AS contact FROM app.users
