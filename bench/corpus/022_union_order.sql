SELECT sku FROM catalog.products UNION SELECT sku FROM catalog.discontinued ORDER BY sku
