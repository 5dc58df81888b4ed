SELECT p.id, p.title FROM catalog.products p WHERE p.category IN ('books', 'music', 'film')
