-- Not a benchmark query: revenue by the supplying nation of each line's
-- part-supplier pair (the composite key), and the share from pairs with
-- fewer than 1000 parts available, for parts of size 10 or less.
select
    n_name,
    sum(l_extendedprice * (1 - l_discount)) as revenue,
    sum(case when ps_availqty < 1000 then l_extendedprice * (1 - l_discount) end) as scarce_revenue
from
    lineitem
    left join partsupp on l_partkey = ps_partkey and l_suppkey = ps_suppkey
    left join part on ps_partkey = p_partkey
    left join supplier on ps_suppkey = s_suppkey
    left join nation on s_nationkey = n_nationkey
where
    p_size <= 10
group by
    n_name
order by
    n_name;
