SELECT q0."d0" AS "returns.reason",
       q0."m0" AS "return_count",
       COALESCE(q1."m2", 0) AS "order.order_count",
       q1."m3" AS "order.revenue"
FROM (SELECT t0."reason" AS "d0",
       COUNT(*) AS "m0"
FROM "sales"."returns" AS t0
LEFT JOIN "orders" AS t1 ON t0."order_id" = t1."id"
GROUP BY 1) AS q0
LEFT JOIN (SELECT r."d0",
       COUNT(*) AS "m2",
       SUM(r."x3") AS "m3"
FROM (SELECT DISTINCT t0."reason" AS "d0",
       t1."id" AS "k0",
       t1."amount" AS "x3"
FROM "sales"."returns" AS t0
LEFT JOIN "orders" AS t1 ON t0."order_id" = t1."id"
WHERE (t1."id" IS NOT NULL)) AS r
GROUP BY 1) AS q1 ON (q0."d0" IS NOT DISTINCT FROM q1."d0")
ORDER BY "return_count" DESC NULLS LAST, "returns.reason" ASC NULLS LAST
LIMIT 4
