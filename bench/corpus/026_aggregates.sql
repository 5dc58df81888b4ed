SELECT p.category, sum(p.price) AS revenue, avg(p.price) AS avg_price FROM catalog.products p GROUP BY p.category HAVING sum(p.price) > 0
