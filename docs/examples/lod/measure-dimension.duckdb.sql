SELECT COALESCE(t2."v", 0) AS "customers.n_orders",
       COUNT(*) AS "customer_count"
FROM "customers" AS t0
LEFT JOIN (SELECT t0."customer_id" AS "k0",
       COUNT(*) AS "v"
FROM "orders" AS t0
GROUP BY 1) AS t2 ON t0."id" = t2."k0"
GROUP BY 1
ORDER BY "customers.n_orders" ASC NULLS LAST
