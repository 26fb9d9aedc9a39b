"""sweep"""
