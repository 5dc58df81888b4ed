SELECT product_id, title FROM catalog.products ORDER BY title LIMIT 50
