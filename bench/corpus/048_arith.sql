SELECT i.qty * i.price AS line_total, i.sku, i.qty FROM sales.items i
