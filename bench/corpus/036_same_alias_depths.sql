SELECT t.id FROM (SELECT t.id FROM inventory.items t) t
