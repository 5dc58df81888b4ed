SELECT id FROM (SELECT id FROM app.users)
