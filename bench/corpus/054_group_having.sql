SELECT s.store_id, count(s.sale_id) AS sales FROM retail.sales s GROUP BY s.store_id HAVING count(s.sale_id) > 10
