SELECT name FROM hr.departments WHERE active = TRUE
