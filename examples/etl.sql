-- Nightly ETL: a staging table, totals built from it, a view for reporting.
CREATE TABLE staging.daily_orders AS
SELECT o.order_id,
       o.customer_id,
       o.amount * o.fx_rate AS amount_eur,
       CAST(o.ordered_at AS DATE) AS order_day
FROM sales.orders o
WHERE o.status = 'shipped';

CREATE TABLE mart.customer_totals AS
SELECT customer_id, SUM(amount_eur) AS revenue, COUNT(order_id) AS orders
FROM staging.daily_orders
GROUP BY customer_id;

CREATE VIEW mart.top_customers AS
SELECT c.full_name, t.revenue
FROM mart.customer_totals t
JOIN crm.customers c ON c.customer_id = t.customer_id
WHERE t.revenue > 1000;

INSERT INTO reporting.revenue_by_segment (segment, revenue)
SELECT segment, SUM(revenue)
FROM mart.customer_totals
JOIN crm.customers USING (customer_id)
GROUP BY segment;
