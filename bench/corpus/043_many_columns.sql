SELECT c.id, c.first_name, c.last_name, c.email, c.phone, c.street, c.city, c.zip, c.country,
       c.created_at, c.updated_at, c.segment, c.tier, c.owner_id, c.status
FROM crm.customers c
