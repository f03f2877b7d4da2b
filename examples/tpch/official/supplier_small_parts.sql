-- Per nation, the suppliers that supply at least one part of size 5 or
-- less, how many such supplies they hold, and the quantity shipped on
-- them: a supplier counts once however many such parts it supplies.
with small as (
    select s_suppkey, n_name, ps_partkey, ps_suppkey
    from supplier
    join nation on s_nationkey = n_nationkey
    join partsupp on ps_suppkey = s_suppkey
    join part on ps_partkey = p_partkey
    where p_size <= 5
),
shipped as (
    select n_name, sum(l_quantity) as sum_qty
    from lineitem
    join small on l_partkey = small.ps_partkey and l_suppkey = small.ps_suppkey
    group by n_name
)
select small.n_name, count(distinct s_suppkey) as supplier_count, count(*) as partsupp_count, max(sum_qty) as sum_qty
from small
left join shipped on small.n_name = shipped.n_name
group by small.n_name
order by n_name;
