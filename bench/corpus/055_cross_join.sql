SELECT d.day, s.store_id FROM calendar.days d CROSS JOIN retail.stores s
