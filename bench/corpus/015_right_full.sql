SELECT a.k, b.v FROM wh.left_side a RIGHT JOIN wh.right_side b ON a.k = b.k FULL OUTER JOIN wh.extra x ON x.k = a.k
