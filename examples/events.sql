-- Web and mobile events in one stream.
SELECT e.event_id, e.user_id, e.occurred_at AS event_time
FROM web.page_views e
UNION ALL
SELECT m.event_id, m.user_id, m.logged_at AS event_time
FROM mobile.app_events m
UNION ALL
SELECT k.id AS event_id, k.user_id, k.ts AS event_time
FROM (SELECT * FROM kiosk.raw_events) k
