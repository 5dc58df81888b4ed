SELECT region, revenue FROM warehouse.finance.monthly_revenue
