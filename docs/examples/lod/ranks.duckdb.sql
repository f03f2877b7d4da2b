SELECT w."c0" AS "customer.region",
       w."c1" AS "orders.status",
       w."c2" AS "revenue",
       w."c3" AS "rank_in_region"
FROM (SELECT q0."d0" AS "c0",
       q0."d1" AS "c1",
       q0."m1" AS "c2",
       RANK() OVER (PARTITION BY q0."d0" ORDER BY q0."m1" DESC NULLS LAST) AS "c3",
       q0."m1" AS "x1",
       RANK() OVER (PARTITION BY q0."d0" ORDER BY q0."m1" DESC NULLS LAST) AS "x6"
FROM (SELECT upper(t1."region") AS "d0",
       lower(t0."status") AS "d1",
       SUM(t0."amount") AS "m1"
FROM "orders" AS t0
LEFT JOIN "customers" AS t1 ON t0."customer_id" = t1."id"
GROUP BY 1, 2) AS q0) AS w
WHERE (w."x6" <= 2)
ORDER BY "customer.region" ASC NULLS LAST, "rank_in_region" ASC NULLS LAST
