SELECT lvl4.v AS final_value FROM (
 SELECT lvl3.v FROM (
  SELECT lvl2.v FROM (
   SELECT lvl1.v FROM (
    SELECT raw_value AS v FROM metrics.samples
   ) lvl1
  ) lvl2
 ) lvl3
) lvl4
