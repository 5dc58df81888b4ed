/* nightly extract */
SELECT /*+ INDEX(i idx_items_sku) */ i.sku,
       i.qty -- quantity sold
FROM sales.items i
-- end of extract
