SELECT CAST(e.payload AS TEXT) AS body, e.id FROM logs.raw_events e
