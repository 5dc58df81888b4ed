SELECT e.emp_id, e.salary FROM hr.employees e WHERE e.salary > 1000 ORDER BY e.salary DESC
