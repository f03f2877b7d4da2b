SELECT lower(t0."status") AS "orders.status",
       COUNT(*) AS "order_count",
       SUM(t0."amount") AS "revenue"
FROM "orders" AS t0
LEFT JOIN "customers" AS t1 ON t0."customer_id" = t1."id"
WHERE (lower(t0."status") IS NOT NULL) AND (t0."amount" >= 100) AND (t1."vip" = TRUE)
GROUP BY 1
HAVING (COUNT(*) > 20)
ORDER BY "orders.status" ASC NULLS LAST
