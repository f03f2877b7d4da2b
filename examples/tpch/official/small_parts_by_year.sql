-- Per order year, the lines of parts of size 10 or less, and the distinct
-- orders, parts and customers they reach.
select
    extract(year from o_orderdate) as o_orderdate,
    count(*) as count_order,
    count(distinct o_orderkey) as order_count,
    count(distinct l_partkey) as part_count,
    count(distinct o_custkey) as customer_count
from lineitem
join part on l_partkey = p_partkey
join orders on l_orderkey = o_orderkey
where p_size <= 10
group by 1
order by 1;
