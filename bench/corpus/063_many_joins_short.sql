SELECT a.x, b.y, c.z, d.w, e.v FROM s.a a JOIN s.b b ON a.i = b.i JOIN s.c c ON b.i = c.i JOIN s.d d ON c.i = d.i JOIN s.e e ON d.i = e.i
