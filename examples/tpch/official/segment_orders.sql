-- Revenue, orders, their total price and customers per market segment:
-- each order and each customer counted once, however many lines reach it.
with line_revenue as (
    select c_mktsegment, sum(l_extendedprice * (1 - l_discount)) as revenue
    from lineitem
    join orders on l_orderkey = o_orderkey
    join customer on o_custkey = c_custkey
    group by c_mktsegment
),
order_totals as (
    select c_mktsegment, count(*) as order_count, sum(o_totalprice) as total_price,
           count(distinct o_custkey) as customer_count
    from orders
    join customer on o_custkey = c_custkey
    where o_orderkey in (select l_orderkey from lineitem)
    group by c_mktsegment
)
select line_revenue.c_mktsegment, revenue, order_count, total_price, customer_count
from line_revenue
join order_totals on line_revenue.c_mktsegment = order_totals.c_mktsegment
order by c_mktsegment;
