/* Cohort retention: users by signup month and their later activity. */
SELECT cohort.signup_month,
       cohort.user_id,
       activity.last_seen,
       activity.sessions,
       spend.total_spend,
       spend.first_purchase
FROM (
    SELECT u.id AS user_id,
           u.signup_month
    FROM (
        SELECT id, created_month AS signup_month
        FROM app.users
        WHERE deleted = FALSE
    ) u
) cohort
LEFT JOIN (
    SELECT a.user_id,
           a.seen_at AS last_seen,
           a.session_count AS sessions
    FROM analytics.user_activity a
) activity ON activity.user_id = cohort.user_id
LEFT JOIN (
    SELECT b.customer_ref AS user_id,
           b.lifetime AS total_spend,
           b.first_paid_at AS first_purchase
    FROM (
        SELECT p.customer_ref, p.lifetime, p.first_paid_at
        FROM billing.customer_totals p
    ) b
) spend ON spend.user_id = cohort.user_id
