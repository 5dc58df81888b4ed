/* Customer value: nested subqueries, renamed at every level. */
SELECT v.customer_ref AS customer_id,
       v.lifetime_spend
FROM (
    SELECT s.cid AS customer_ref,
           s.spend AS lifetime_spend
    FROM (
        SELECT customer_id AS cid, amount AS spend
        FROM billing.payments
        WHERE amount > 0
    ) s
) v;

-- Everything the active-user view exposes, through a star.
SELECT u.*
FROM (SELECT user_id, email AS contact_email, created_at FROM app.users) u;
