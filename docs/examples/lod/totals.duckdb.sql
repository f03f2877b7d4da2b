SELECT q0."d0" AS "customer.region",
       q0."d1" AS "orders.status",
       q0."m1" AS "revenue",
       (CASE WHEN (ABS(((100 * q0."m1") / NULLIF(t2."m1", 0))) >= 4503599627370496) THEN ((100 * q0."m1") / NULLIF(t2."m1", 0)) ELSE (round(((100 * q0."m1") / NULLIF(t2."m1", 0)) * 1E1) / 1E1) END) AS "share",
       (CASE WHEN (ABS(((100 * q0."m1") / NULLIF(t3."m1", 0))) >= 4503599627370496) THEN ((100 * q0."m1") / NULLIF(t3."m1", 0)) ELSE (round(((100 * q0."m1") / NULLIF(t3."m1", 0)) * 1E1) / 1E1) END) AS "region_share"
FROM (SELECT upper(t1."region") AS "d0",
       lower(t0."status") AS "d1",
       SUM(t0."amount") AS "m1"
FROM "orders" AS t0
LEFT JOIN "customers" AS t1 ON t0."customer_id" = t1."id"
WHERE (lower(t0."status") IN ('paid', 'pending'))
GROUP BY 1, 2) AS q0
CROSS JOIN (SELECT SUM(t0."amount") AS "m1"
FROM "orders" AS t0
LEFT JOIN "customers" AS t1 ON t0."customer_id" = t1."id"
WHERE (lower(t0."status") IN ('paid', 'pending'))
GROUP BY GROUPING SETS (())) AS t2
LEFT JOIN (SELECT upper(t1."region") AS "d0",
       SUM(t0."amount") AS "m1"
FROM "orders" AS t0
LEFT JOIN "customers" AS t1 ON t0."customer_id" = t1."id"
WHERE (lower(t0."status") IN ('paid', 'pending'))
GROUP BY 1) AS t3 ON (q0."d0" IS NOT DISTINCT FROM t3."d0")
ORDER BY "customer.region" ASC NULLS LAST, "orders.status" ASC NULLS LAST
