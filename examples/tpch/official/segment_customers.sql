-- From the customers' side, per market segment: every customer, with or
-- without orders; their orders and the revenue of those orders' lines,
-- each order and each line once.
with customers as (
    select c_mktsegment, count(*) as customer_count
    from customer
    group by c_mktsegment
),
order_totals as (
    select c_mktsegment, count(*) as order_count, sum(o_totalprice) as total_price
    from orders
    join customer on o_custkey = c_custkey
    group by c_mktsegment
),
line_revenue as (
    select c_mktsegment, sum(l_extendedprice * (1 - l_discount)) as revenue
    from lineitem
    join orders on l_orderkey = o_orderkey
    join customer on o_custkey = c_custkey
    group by c_mktsegment
)
select customers.c_mktsegment, customer_count, order_count, total_price, revenue
from customers
left join order_totals on customers.c_mktsegment = order_totals.c_mktsegment
left join line_revenue on customers.c_mktsegment = line_revenue.c_mktsegment
order by c_mktsegment;
