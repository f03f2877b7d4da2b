-- Each nation's share of the 1995 order value, of the world's and of its
-- region's, and its rank by that value: asked from the customers' side,
-- every 1995 order counted once.
select r_name, n_name,
       sum(o_totalprice) as total_price,
       sum(o_totalprice) / sum(sum(o_totalprice)) over () as order_value_share,
       sum(o_totalprice) / sum(sum(o_totalprice)) over (partition by r_name) as region_order_share,
       rank() over (order by sum(o_totalprice) desc) as order_value_rank
from customer
join nation on c_nationkey = n_nationkey
join region on n_regionkey = r_regionkey
join orders on o_custkey = c_custkey
where o_orderdate >= date '1995-01-01'
  and o_orderdate < date '1996-01-01'
group by r_name, n_name
order by r_name, n_name;
