SELECT q0."d0" AS "customers.region",
       q0."m0" AS "customer_count",
       COALESCE(q1."m1", 0) AS "orders.order_count",
       q1."m2" AS "orders.revenue",
       COALESCE(q2."m3", 0) AS "orders.returns.return_count"
FROM (SELECT r."d0",
       COUNT(*) AS "m0"
FROM (SELECT DISTINCT upper(t0."region") AS "d0",
       t0."id" AS "k0"
FROM "customers" AS t0
LEFT JOIN "orders" AS t1 ON t0."id" = t1."customer_id"
WHERE (lower(t1."status") = 'paid')) AS r
GROUP BY 1) AS q0
LEFT JOIN (SELECT r."d0",
       COUNT(*) AS "m1",
       SUM(r."x2") AS "m2"
FROM (SELECT DISTINCT upper(t0."region") AS "d0",
       t1."id" AS "k0",
       t1."amount" AS "x2"
FROM "customers" AS t0
LEFT JOIN "orders" AS t1 ON t0."id" = t1."customer_id"
WHERE (lower(t1."status") = 'paid') AND (t1."customer_id" IS NOT NULL)) AS r
GROUP BY 1) AS q1 ON (q0."d0" IS NOT DISTINCT FROM q1."d0")
LEFT JOIN (SELECT r."d0",
       COUNT(*) AS "m3"
FROM (SELECT DISTINCT upper(t0."region") AS "d0",
       t2."id" AS "k0"
FROM "customers" AS t0
LEFT JOIN "orders" AS t1 ON t0."id" = t1."customer_id"
LEFT JOIN "sales"."returns" AS t2 ON t1."id" = t2."order_id"
WHERE (lower(t1."status") = 'paid') AND (t2."order_id" IS NOT NULL)) AS r
GROUP BY 1) AS q2 ON (q0."d0" IS NOT DISTINCT FROM q2."d0")
ORDER BY "customers.region" ASC NULLS LAST
