-- A few statements for the original analysis.
SELECT a, b AS c FROM sales.orders;
SELECT o.id, SUM(o.amount) AS total FROM db.orders o JOIN db.customers c ON c.id = o.cid GROUP BY o.id;
CREATE TABLE t (a int);
SELECT FROM WHERE;
WITH x AS (SELECT id, name FROM crm.people) SELECT x.name AS who FROM x;
