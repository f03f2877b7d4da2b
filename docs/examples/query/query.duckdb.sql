SELECT CAST(date_trunc('month', t0."created_at") AS TIMESTAMP) AS "orders.created_at",
       t1."region" AS "customers.region",
       SUM(t0."amount") AS "revenue",
       COUNT(*) AS "order_count"
FROM "orders" AS t0
LEFT JOIN "customers" AS t1 ON t0."customer_id" = t1."id"
WHERE (t0."status" = 'paid')
GROUP BY 1, 2
ORDER BY "revenue" DESC NULLS LAST
LIMIT 5
