SELECT s.user_id, s.signup_date FROM (SELECT * FROM app.users) s
