"""One module per service of the bed; each starts its daemon through the
bed's `Daemons` and tells how to probe that it serves."""
