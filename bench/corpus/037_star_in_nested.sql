SELECT q.sku AS product_sku FROM (SELECT * FROM (SELECT * FROM catalog.products) p) q
