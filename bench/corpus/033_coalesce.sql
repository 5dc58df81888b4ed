SELECT coalesce(p.nickname, p.name) AS display, p.id FROM social.profiles p
