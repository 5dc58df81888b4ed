-- Unified customer touchpoints across channels.
SELECT w.visitor_id AS person_id,
       w.visited_at AS touched_at,
       w.url        AS detail,
       w.referrer   AS origin
FROM web.visits w
WHERE w.bot = FALSE
UNION ALL
SELECT e.recipient_id AS person_id,
       e.opened_at    AS touched_at,
       e.subject      AS detail,
       e.campaign     AS origin
FROM email.opens e
UNION ALL
SELECT t.customer_id AS person_id,
       t.created_at  AS touched_at,
       t.title       AS detail,
       t.channel     AS origin
FROM (
    SELECT tk.customer_id, tk.created_at, tk.title, tk.channel
    FROM support.tickets tk
    WHERE tk.spam = FALSE
) t
UNION ALL
SELECT s.user_id AS person_id,
       s.started_at AS touched_at,
       s.device AS detail,
       s.app_version AS origin
FROM (SELECT * FROM mobile.sessions) s
