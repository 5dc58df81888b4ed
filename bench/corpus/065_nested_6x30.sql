SELECT
  l6.c00 AS c00, l6.c01 AS c01, l6.c02 AS c02, l6.c03 AS c03, l6.c04 AS c04, l6.c05 AS c05,
  l6.c06 AS c06, l6.c07 AS c07, l6.c08 AS c08, l6.c09 AS c09, l6.c10 AS c10, l6.c11 AS c11,
  l6.c12 AS c12, l6.c13 AS c13, l6.c14 AS c14, l6.c15 AS c15, l6.c16 AS c16, l6.c17 AS c17,
  l6.c18 AS c18, l6.c19 AS c19, l6.c20 AS c20, l6.c21 AS c21, l6.c22 AS c22, l6.c23 AS c23,
  l6.c24 AS c24, l6.c25 AS c25, l6.c26 AS c26, l6.c27 AS c27, l6.c28 AS c28, l6.c29 AS c29
FROM (
  SELECT
    l5.c00 AS c00, l5.c01 AS c01, l5.c02 AS c02, l5.c03 AS c03, l5.c04 AS c04, l5.c05 AS c05,
    l5.c06 AS c06, l5.c07 AS c07, l5.c08 AS c08, l5.c09 AS c09, l5.c10 AS c10, l5.c11 AS c11,
    l5.c12 AS c12, l5.c13 AS c13, l5.c14 AS c14, l5.c15 AS c15, l5.c16 AS c16, l5.c17 AS c17,
    l5.c18 AS c18, l5.c19 AS c19, l5.c20 AS c20, l5.c21 AS c21, l5.c22 AS c22, l5.c23 AS c23,
    l5.c24 AS c24, l5.c25 AS c25, l5.c26 AS c26, l5.c27 AS c27, l5.c28 AS c28, l5.c29 AS c29
  FROM (
    SELECT
      l4.c00 AS c00, l4.c01 AS c01, l4.c02 AS c02, l4.c03 AS c03, l4.c04 AS c04, l4.c05 AS c05,
      l4.c06 AS c06, l4.c07 AS c07, l4.c08 AS c08, l4.c09 AS c09, l4.c10 AS c10, l4.c11 AS c11,
      l4.c12 AS c12, l4.c13 AS c13, l4.c14 AS c14, l4.c15 AS c15, l4.c16 AS c16, l4.c17 AS c17,
      l4.c18 AS c18, l4.c19 AS c19, l4.c20 AS c20, l4.c21 AS c21, l4.c22 AS c22, l4.c23 AS c23,
      l4.c24 AS c24, l4.c25 AS c25, l4.c26 AS c26, l4.c27 AS c27, l4.c28 AS c28, l4.c29 AS c29
    FROM (
      SELECT
        l3.c00 AS c00, l3.c01 AS c01, l3.c02 AS c02, l3.c03 AS c03, l3.c04 AS c04, l3.c05 AS c05,
        l3.c06 AS c06, l3.c07 AS c07, l3.c08 AS c08, l3.c09 AS c09, l3.c10 AS c10, l3.c11 AS c11,
        l3.c12 AS c12, l3.c13 AS c13, l3.c14 AS c14, l3.c15 AS c15, l3.c16 AS c16, l3.c17 AS c17,
        l3.c18 AS c18, l3.c19 AS c19, l3.c20 AS c20, l3.c21 AS c21, l3.c22 AS c22, l3.c23 AS c23,
        l3.c24 AS c24, l3.c25 AS c25, l3.c26 AS c26, l3.c27 AS c27, l3.c28 AS c28, l3.c29 AS c29
      FROM (
        SELECT
          l2.c00 AS c00, l2.c01 AS c01, l2.c02 AS c02, l2.c03 AS c03, l2.c04 AS c04, l2.c05 AS c05,
          l2.c06 AS c06, l2.c07 AS c07, l2.c08 AS c08, l2.c09 AS c09, l2.c10 AS c10, l2.c11 AS c11,
          l2.c12 AS c12, l2.c13 AS c13, l2.c14 AS c14, l2.c15 AS c15, l2.c16 AS c16, l2.c17 AS c17,
          l2.c18 AS c18, l2.c19 AS c19, l2.c20 AS c20, l2.c21 AS c21, l2.c22 AS c22, l2.c23 AS c23,
          l2.c24 AS c24, l2.c25 AS c25, l2.c26 AS c26, l2.c27 AS c27, l2.c28 AS c28, l2.c29 AS c29
        FROM (
          SELECT
            l1.c00 AS c00, l1.c01 AS c01, l1.c02 AS c02, l1.c03 AS c03, l1.c04 AS c04, l1.c05 AS c05,
            l1.c06 AS c06, l1.c07 AS c07, l1.c08 AS c08, l1.c09 AS c09, l1.c10 AS c10, l1.c11 AS c11,
            l1.c12 AS c12, l1.c13 AS c13, l1.c14 AS c14, l1.c15 AS c15, l1.c16 AS c16, l1.c17 AS c17,
            l1.c18 AS c18, l1.c19 AS c19, l1.c20 AS c20, l1.c21 AS c21, l1.c22 AS c22, l1.c23 AS c23,
            l1.c24 AS c24, l1.c25 AS c25, l1.c26 AS c26, l1.c27 AS c27, l1.c28 AS c28, l1.c29 AS c29
          FROM (
            SELECT
              c00, c01, c02, c03, c04, c05,
              c06, c07, c08, c09, c10, c11,
              c12, c13, c14, c15, c16, c17,
              c18, c19, c20, c21, c22, c23,
              c24, c25, c26, c27, c28, c29
            FROM warehouse.daily_facts f
          ) l1
        ) l2
      ) l3
    ) l4
  ) l5
) l6
