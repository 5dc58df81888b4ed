SELECT /*+ PARALLEL(4) FULL(t) */ t.event_id, t.ts AS event_time FROM logs.events t
