def model(dbt, session):
    return dbt.ref("customers").filter("lifetime_value > 20")
