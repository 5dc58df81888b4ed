SELECT a.id, a.title FROM cms.articles a ORDER BY a.published_at DESC LIMIT 20 OFFSET 40
