SELECT event_id, user_id FROM web.events
UNION ALL SELECT event_id, user_id FROM ios.events
UNION ALL SELECT event_id, user_id FROM android.events
